// tarn_prefix.cpp
#include "pytarn.h"
#include "tarn_internal.h"
