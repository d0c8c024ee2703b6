// placeholder: module under construction
#include "_internal/common/py.hpp"
