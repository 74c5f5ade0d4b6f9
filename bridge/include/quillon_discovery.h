#ifndef QUILLON_DISCOVERY_H
#define QUILLON_DISCOVERY_H

#include "quillon_api.h"

#endif
