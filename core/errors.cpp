#include "errors.hpp"
