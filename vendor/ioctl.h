// The reader's vendor device-control codes: METHOD_BUFFERED, any access,
// input and output in the one system buffer.
#pragma once

#include <wdm.h>

// Two bytes in: an I2C command.
#define IOCTL_VENDOR_I2C_COMMAND                                               \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The input bytes to the I2C bus.
#define IOCTL_VENDOR_I2C_WRITE                                                 \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The input bytes (if any) to the I2C bus, then the output bytes from it.
#define IOCTL_VENDOR_I2C_READ                                                  \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Two bytes in: the vendor value.
#define IOCTL_VENDOR_WRITE                                                     \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80C, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Two bytes out: the vendor value.
#define IOCTL_VENDOR_READ                                                      \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS)
