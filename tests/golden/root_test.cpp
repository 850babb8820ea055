#include "golden.h"
