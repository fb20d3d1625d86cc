// The USB bus driver library: configuration descriptor parsing, the
// select-configuration request builders, and the URB building macros.
#pragma once

#include "usbdi.h"

EXTERN_C_START

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface; // filled by the request builder
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// The first interface descriptor at or after StartPosition, within the
// configuration's wTotalLength, that matches every criterion not -1.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass,
    LONG InterfaceSubClass, LONG InterfaceProtocol);

// Obsolete form: from the start of the descriptor, class criteria any.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
    UCHAR InterfaceNumber, UCHAR AlternateSetting);

// The first descriptor of DescriptorType at or after StartPosition within
// TotalLength bytes of DescriptorBuffer.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                             ULONG TotalLength,
                                             PVOID StartPosition,
                                             LONG DescriptorType);

// Bytes from the interface descriptor to the next interface descriptor or
// BufferEnd, whichever comes first.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                              PUCHAR BufferEnd);

// A select-configuration URB from non-paged pool for the interfaces of
// InterfaceList (closed by a null InterfaceDescriptor), with room for every
// pipe; each entry's Interface is pointed at its information in the URB.
// The caller frees the URB with ExFreePool. Null when the list or the
// descriptor is unusable or the pool is exhausted.
PURB USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
    PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// Obsolete form: every interface of the configuration in alternate setting
// 0; *Siz receives the URB's size.
PURB USBD_CreateConfigurationRequest(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz);

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// ---------------------------------------------------------------------------
// URB builders. Each fills exactly the fields its request needs; `link` is
// the obsolete URB chain and is normally NULL.

#define UsbBuildGetDescriptorRequest(                                          \
    urb, length, descriptorType, descriptorIndex, languageId, transferBuffer,  \
    transferBufferMDL, transferBufferLength, link)                             \
  do {                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;       \
    (urb)->UrbHeader.Length = (length);                                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength =                  \
        (transferBufferLength);                                                \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL =                     \
        (transferBufferMDL);                                                   \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                       \
  } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits,   \
                              request, value, index, transferBuffer,           \
                              transferBufferMDL, transferBufferLength, link)   \
  do {                                                                         \
    (urb)->UrbHeader.Function = (cmd);                                         \
    (urb)->UrbHeader.Length = (length);                                        \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength =                 \
        (transferBufferLength);                                                \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL =                    \
        (transferBufferMDL);                                                   \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);     \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits =              \
        (reservedBits);                                                        \
    (urb)->UrbControlVendorClassRequest.Request = (request);                   \
    (urb)->UrbControlVendorClassRequest.Value = (value);                       \
    (urb)->UrbControlVendorClassRequest.Index = (index);                       \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);       \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                      \
  } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(                                \
    urb, length, pipeHandle, transferBuffer, transferBufferMDL,                \
    transferBufferLength, transferFlags, link)                                 \
  do {                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;       \
    (urb)->UrbHeader.Length = (length);                                        \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);               \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength =                   \
        (transferBufferLength);                                                \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL); \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);       \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);         \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                        \
  } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length,                        \
                                           configurationDescriptor)            \
  do {                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;             \
    (urb)->UrbHeader.Length = (length);                                        \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor =                    \
        (configurationDescriptor);                                             \
  } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle,       \
                                       interfaceNumber, alternateSetting)      \
  do {                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                 \
    (urb)->UrbHeader.Length = (length);                                        \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting); \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);   \
    (urb)->UrbSelectInterface.Interface.Length =                               \
        sizeof(USBD_INTERFACE_INFORMATION);                                    \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);     \
  } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer,               \
                                 transferBufferMDL, link)                      \
  do {                                                                         \
    (urb)->UrbHeader.Function = (op);                                          \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);  \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);   \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL); \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);       \
    (urb)->UrbControlGetStatusRequest.Index = (index);                         \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                        \
  } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)          \
  do {                                                                         \
    (urb)->UrbHeader.Function = (op);                                          \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);     \
    (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);       \
    (urb)->UrbControlFeatureRequest.Index = (index);                           \
    (urb)->UrbControlFeatureRequest.UrbLink = (link);                          \
  } while (0)

EXTERN_C_END
