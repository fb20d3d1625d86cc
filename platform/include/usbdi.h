// The USB bus driver interface of a client driver: the internal device
// control codes that carry URBs and port requests, and the size rules of the
// variable-length select requests.
#pragma once

#include "usb.h"

EXTERN_C_START

#ifndef FILE_DEVICE_USB
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#endif

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_GET_HUB_NAME 8
#define USB_IDLE_NOTIFICATION 9

// IRP_MJ_INTERNAL_DEVICE_CONTROL codes. The argument travels in the next
// stack location's Parameters.Others.Argument1 (the URB, or a PULONG for
// the port status).
#define IOCTL_INTERNAL_USB_SUBMIT_URB                                          \
  CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT                                          \
  CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO                                     \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_ROOTHUB_PDO, METHOD_NEITHER,               \
           FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                     \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER,               \
           FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_ENABLE_PORT                                         \
  CTL_CODE(FILE_DEVICE_USB, USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT                                       \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT                                          \
  CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_NAME                                        \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION                            \
  CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION, METHOD_NEITHER,             \
           FILE_ANY_ACCESS)

// IOCTL_INTERNAL_USB_GET_PORT_STATUS
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

typedef struct _USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;         // BCD, 0x0600 and up: Windows Vista's USBDI
  ULONG Supported_USB_Version; // BCD, 0x0200: USB 2.0
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

// One interface with its pipes.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                  \
  ((USHORT)(sizeof(USBD_INTERFACE_INFORMATION) +                               \
            sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) -                   \
            sizeof(USBD_PIPE_INFORMATION)))

// A select-configuration URB for totalInterfaces interfaces with totalPipes
// pipes in all (totalPipes >= totalInterfaces, as the published macro
// assumes).
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)     \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                  \
   ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) +                \
   ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                          \
  (sizeof(struct _URB_SELECT_INTERFACE) +                                      \
   ((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION))

EXTERN_C_END
