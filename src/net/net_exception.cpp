// The error classes are header-only; this unit gives the layer's library a home.
#include "net/net_exception.h"
