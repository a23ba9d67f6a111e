// tarn_classify.cpp
#include "pytarn.h"
#include "tarn_internal.h"
