#ifndef QUILLON_PASSWORD_H
#define QUILLON_PASSWORD_H

#include "quillon_api.h"

#endif
