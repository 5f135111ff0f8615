#pragma once
// A Wine prefix's system.reg in a temporary folder, fresh for every test, for the tests of the Wine
// registry backend, with the sample file under tests/data/registry.

#include "core/registry.h"
#include "platform/backends.h"
#include "testdata.h"
#include "testfiles.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <variant>

namespace rostrel::testing {

inline const std::string kGameKey = "Software\\Blizzard Entertainment\\World of Warcraft";
inline const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// A prefix's system.reg in miniature: a 64-bit prefix with the game in the 32-bit view, and a
// stale copy of the key in the 64-bit view that must not be read.
inline const QByteArray kSample = readFile(testDataPath(QStringLiteral("registry/sample.reg")));

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

[[nodiscard]] inline bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QString describe(const registry::Value& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return QStringLiteral("text \"%1\"").arg(QString::fromStdString(*text));
    if (const auto* number = std::get_if<std::uint32_t>(&value))
        return QStringLiteral("number %1").arg(*number);
    return QStringLiteral("nothing");
}

// The folder and system.reg a test works on; the test class calls freshFolder() from its init().
class WineRegistryFolder
{
protected:
    void freshFolder()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY2(!kSample.isEmpty(), "tests/data/registry/sample.reg");
        m_reg = m_dir->filePath(QStringLiteral("system.reg"));
    }

    // The Wine registry over a system.reg holding the content; null when the file cannot be written.
    std::unique_ptr<registry::Registry> registryFor(const QByteArray& content)
    {
        if (!writeAll(m_reg, content))
            return nullptr;
        return registry::makeWineRegistry(m_reg.toStdString());
    }

    std::unique_ptr<QTemporaryDir> m_dir; // a fresh one for every test
    QString m_reg;
};

} // namespace rostrel::testing
