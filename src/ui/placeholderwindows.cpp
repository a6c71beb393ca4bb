#include "placeholderwindows.h"
