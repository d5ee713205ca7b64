#include "numerics/sort.hpp"
