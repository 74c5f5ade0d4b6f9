#ifndef QUILLON_FLASH_H
#define QUILLON_FLASH_H

#include "quillon_api.h"

#endif
