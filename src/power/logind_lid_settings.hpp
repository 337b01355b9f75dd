#pragma once

#include "power/lid_settings.hpp"

namespace pelorn {

// Reads logind's properties on the system bus.
class LogindLidSettings final : public LidSettingsSource {
public:
    LidSnapshot read() override;
};

} // namespace pelorn
