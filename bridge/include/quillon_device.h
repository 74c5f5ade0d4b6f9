#ifndef QUILLON_DEVICE_H
#define QUILLON_DEVICE_H

#include "quillon_api.h"

#endif
