#ifndef QUILLON_HIDDEN_H
#define QUILLON_HIDDEN_H

#include "quillon_api.h"

#endif
