#include "numerics/svd.hpp"
