// Small text helpers the kernel's parts share: names compared without
// regard to case (device names, services, registry keys, hardware IDs) and
// 32-bit values as findings print them.
#pragma once

#include <string>
#include <string_view>

#include <wdm.h>

namespace talvor::kernel {

// Upper-cases ASCII letters only, as object names are compared.
std::string upper_ascii(std::string_view text);
bool equal_ignoring_case(std::string_view a, std::string_view b);
// "0xC0000001": a status or control code in a finding.
std::string hex32(ULONG value);
// "IRP_MJ_DEVICE_CONTROL": an IRP's major function in a finding.
std::string major_function_name(UCHAR major);

} // namespace talvor::kernel
