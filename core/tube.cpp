#include "tube.hpp"
