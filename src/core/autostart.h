#pragma once
// The start-with-the-desktop entry. Plain C++ (the Windows backend needs no Qt).

#include <memory>
#include <string>

namespace rostrel {

namespace registry {
class Registry;
}

class Autostart
{
public:
    virtual ~Autostart() = default;
    // True when the entry exists and names this program.
    virtual bool isInStartup() = 0;
    // Writes the entry. Returns the empty text on success, otherwise why it failed.
    virtual std::string enable() = 0;
    // Removes the entry. Returns the empty text on success (also when there was none).
    virtual std::string disable() = 0;
};

} // namespace rostrel
