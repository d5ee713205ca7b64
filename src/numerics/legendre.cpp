#include "numerics/legendre.hpp"
