#include "textio/free_form.hpp"
