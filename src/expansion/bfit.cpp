#include "expansion/bfit.hpp"
