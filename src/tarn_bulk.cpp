// tarn_bulk.cpp
#include "pytarn.h"
#include "tarn_internal.h"
