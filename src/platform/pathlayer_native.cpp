// Windows: the game's paths are the host's.

#include "platform/pathlayer.h"

namespace rostrel {
namespace {

class NativePathLayer final : public PathLayer
{
public:
    QString toHost(const QString& gamePath) const override { return gamePath; }
};

} // namespace

std::unique_ptr<PathLayer> makeNativePathLayer()
{
    return std::make_unique<NativePathLayer>();
}

} // namespace rostrel
