// tarn_index.cpp
#include "pytarn.h"
#include "tarn_internal.h"
