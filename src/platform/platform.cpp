#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace rostrel {

PlatformConfig PlatformConfig::fromEnvironment()
{
    PlatformConfig config;
    config.homeDir = qEnvironmentVariable("HOME");
    if (config.homeDir.isEmpty())
        config.homeDir = QDir::homePath();
    config.winePrefix = qEnvironmentVariable("WINEPREFIX");
    config.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    QString program = QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
    if (program.isEmpty())
        program = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    // The real path: a start-up entry must name the file itself, not a link that may move.
    const QString real = QFileInfo(program).canonicalFilePath();
    config.programPath = real.isEmpty() ? program : real;
    config.workingDir = QDir::currentPath();
    return config;
}

QString chooseSettingsFolder(const QString& workingDir, const QString& systemDir, const QString& programDir)
{
    if (systemDir.isEmpty() || programDir.isEmpty())
        return workingDir;
    // Windows' paths: either separator, any letter case, a trailing separator or not.
    const auto same = [](const QString& a, const QString& b) {
        return QDir::cleanPath(QDir::fromNativeSeparators(a))
                   .compare(QDir::cleanPath(QDir::fromNativeSeparators(b)), Qt::CaseInsensitive)
            == 0;
    };
    return same(workingDir, systemDir) ? programDir : workingDir;
}

} // namespace rostrel
