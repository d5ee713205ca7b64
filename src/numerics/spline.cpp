#include "numerics/spline.hpp"
