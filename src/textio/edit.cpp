#include "textio/edit.hpp"
