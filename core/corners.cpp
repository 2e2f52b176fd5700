#include "corners.hpp"
