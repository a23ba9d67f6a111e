// tarn_addr.cpp
#include "pytarn.h"
#include "tarn_internal.h"
