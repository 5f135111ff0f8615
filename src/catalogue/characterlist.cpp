#include "catalogue/characterlist.h"

#include "core/fileio.h"
#include "core/textlines.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSet>

namespace rostrel {

namespace {
// noupload.txt lists a line per character left out; this is far past any real one.
constexpr qint64 kMaxNoUploadBytes = 64 * 1024 * 1024;
} // namespace

CharacterList::CharacterList(QObject* parent)
    : QAbstractListModel(parent)
{ }

int CharacterList::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant CharacterList::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    const Entry& entry = m_entries[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return entry.text;
    case Qt::CheckStateRole:
        return static_cast<int>(entry.checked ? Qt::Checked : Qt::Unchecked);
    default:
        return {};
    }
}

bool CharacterList::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::CheckStateRole || !index.isValid() || index.row() >= count())
        return false;
    // A view may hand over the state as an int or as Qt::CheckState.
    bool ok = false;
    const int state = value.toInt(&ok);
    if (!ok)
        return false;
    setChecked(index.row(), state == Qt::Checked);
    return true;
}

Qt::ItemFlags CharacterList::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

QString CharacterList::text(int index) const
{
    if (index < 0 || index >= count())
        return {};
    return m_entries[static_cast<std::size_t>(index)].text;
}

bool CharacterList::isChecked(int index) const
{
    if (index < 0 || index >= count())
        return false;
    return m_entries[static_cast<std::size_t>(index)].checked;
}

void CharacterList::setChecked(int index, bool checked)
{
    if (index < 0 || index >= count())
        return;
    Entry& entry = m_entries[static_cast<std::size_t>(index)];
    if (entry.checked == checked)
        return;
    entry.checked = checked;
    const QModelIndex changed = this->index(index);
    Q_EMIT dataChanged(changed, changed, { Qt::CheckStateRole });
}

QString CharacterList::key(const EntryPlace& place)
{
    return place.withFlavour().toUpper();
}

int CharacterList::append(const EntryPlace& place, bool severalFlavours)
{
    const int index = count();
    beginInsertRows({}, index, index);
    m_entries.push_back({ severalFlavours ? place.withFlavour() : place.relative, place, true });
    m_indexes.insert(key(place), index);
    endInsertRows();
    // FileDates may be a spare element longer than the list (after resetFileDates); the new
    // entry's element is the last one and holds no time.
    m_fileDates.resize(static_cast<std::size_t>(index) + 1);
    m_fileDates.back().reset();
    return index;
}

bool CharacterList::InListAlready(const EntryPlace& place) const
{
    return m_indexes.contains(key(place));
}

EntryPlace CharacterList::place(int index) const
{
    if (index < 0 || index >= count())
        return {};
    return m_entries[static_cast<std::size_t>(index)].place;
}

QString CharacterList::profileId(int index) const
{
    if (index < 0 || index >= count())
        return {};
    // The site keeps each name's newest profile, so a name must mean the same profile in every
    // run: it depends on the entry alone, never on which other entries or flavours are listed.
    const EntryPlace& place = m_entries[static_cast<std::size_t>(index)].place;
    const QStringList parts = place.relative.split(u'\\', Qt::SkipEmptyParts);
    if (parts.size() >= 3)
        return place.flavourName + u'/' + parts.at(parts.size() - 2) + u'/' + parts.last();
    // The game account's folder name is a login name: the site is told a hash of it (Windows
    // matches the folder in any case, so the hash does too).
    const QByteArray account = parts.value(0).toUpper().toUtf8();
    const QByteArray hash = QCryptographicHash::hash(account, QCryptographicHash::Sha256).toHex().left(8);
    return place.flavourName + QStringLiteral("/account-") + QString::fromLatin1(hash);
}

std::optional<QDateTime> CharacterList::fileDate(int index) const
{
    if (index < 0 || index >= fileDatesSize())
        return std::nullopt;
    return m_fileDates[static_cast<std::size_t>(index)];
}

void CharacterList::setFileDate(int index, const std::optional<QDateTime>& time)
{
    if (index < 0 || index >= fileDatesSize())
        return;
    m_fileDates[static_cast<std::size_t>(index)] = time;
}

void CharacterList::resetFileDates()
{
    m_fileDates.assign(static_cast<std::size_t>(count()) + 1, std::nullopt);
}

void CharacterList::GetNextListIndexnoupload()
{
    const int last = count() - 1;
    for (int i = m_watchIndex + 1; i <= last; ++i) {
        if (isChecked(i)) {
            m_watchIndex = i;
            return;
        }
    }
    for (int i = 0; i <= m_watchIndex && i <= last; ++i) {
        if (isChecked(i)) {
            m_watchIndex = i;
            return;
        }
    }
}

void CharacterList::CompareToHardDrive(const QString& settingsDir)
{
    for (Entry& entry : m_entries)
        entry.checked = true;

    QSet<QString> unchecked;
    if (const auto bytes = io::readFile(QDir(settingsDir).filePath(kNoUploadFile), kMaxNoUploadBytes)) {
        for (const QByteArray& line : splitLines(io::decodeLocalText(*bytes).toUtf8()))
            unchecked.insert(trimSpaces(QString::fromUtf8(line)));
    }
    // A line written before the game had several flavours names the folder alone: it keeps
    // that folder private in every flavour, and a line naming a flavour holds for that one.
    const auto named = [&unchecked](const Entry& entry) {
        const EntryPlace& place = entry.place;
        return unchecked.contains(entry.text) || unchecked.contains(place.relative)
            || unchecked.contains(place.withFlavour());
    };
    for (Entry& entry : m_entries) {
        if (named(entry))
            entry.checked = false;
    }
    if (count() > 0)
        Q_EMIT dataChanged(index(0), index(count() - 1), { Qt::CheckStateRole });
}

bool CharacterList::SaveNoUpload(const QString& settingsDir) const
{
    bool several = m_flavourCount > 1;
    for (const Entry& entry : m_entries)
        several = several || entry.place.flavourName != m_entries.front().place.flavourName;
    QString lines;
    for (const Entry& entry : m_entries) {
        if (!entry.checked)
            lines += (several ? entry.place.withFlavour() : entry.text) + QStringLiteral("\r\n");
    }
    return io::writeFileAtomically(QDir(settingsDir).filePath(kNoUploadFile), io::encodeLocalText(lines)).ok();
}

} // namespace rostrel
