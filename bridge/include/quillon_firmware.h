#ifndef QUILLON_FIRMWARE_H
#define QUILLON_FIRMWARE_H

#include "quillon_api.h"

#endif
