// The phone reached through libimobiledevice, libusbmuxd and libplist.
#pragma once

#include <memory>

#include "phone.h"

namespace phone {

std::unique_ptr<Phone> newLibimobiledevicePhone();

}  // namespace phone
