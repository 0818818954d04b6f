/* Quorvex USB camera driver: what applications (and the driver itself) include to
 * talk about device-control requests: the codes and the records they exchange.
 * Self-contained: needs only <stdint.h> and <stddef.h>, builds as C11 or C++. */
#ifndef QUORVEX_QUORVEX_H
#define QUORVEX_QUORVEX_H

#include "ioctl.h"
#include "records.h"

#endif /* QUORVEX_QUORVEX_H */
