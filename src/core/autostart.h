#pragma once
// The start-with-the-desktop entry.

#include "core/result.h"

namespace rostrel {

class Autostart
{
public:
    virtual ~Autostart() = default;
    // True when the entry exists and names this program.
    virtual bool isInStartup() = 0;
    // Writes the entry; a failure says why.
    virtual Result<void> enable() = 0;
    // Removes the entry; no entry at all is a success.
    virtual Result<void> disable() = 0;
};

} // namespace rostrel
