// Windows: the game's paths are the host's.

#include "platform/backends.h"

namespace rostrel {
namespace {

class NativePathLayer final : public PathLayer
{
public:
    QString toHost(const QString& gamePath) const override { return gamePath; }
    FolderListing list(const QString& hostPath) const override { return listFolder(hostPath); }
};

} // namespace

std::unique_ptr<PathLayer> makeNativePathLayer()
{
    return std::make_unique<NativePathLayer>();
}

} // namespace rostrel
