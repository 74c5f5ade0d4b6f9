#ifndef QUILLON_PASSWORD_H
#define QUILLON_PASSWORD_H

#include "quillon_api.h"

/* HasPassword: 1 when the controller reports a password set, else 0. */
QUILLON_API int QUILLON_CALL HasPassword(const char* path);

#endif
