#ifndef QUILLON_REGION_H
#define QUILLON_REGION_H

#include "quillon_api.h"

#endif
