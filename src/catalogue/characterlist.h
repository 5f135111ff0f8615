#pragma once
// The catalogue of profiles shown by the "Characters" list: one entry per folder holding the
// addon's saved-variables file, each with a check state (checked = upload), plus the per-entry
// last-seen file times (FileDates) and the cursor WatchIndex of the login and the watcher.
// Entries are only ever appended, so indices stay valid.

#include "catalogue/gamefolders.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace rostrel {

// The unchecked entries, one text a line, in the settings folder.
inline const QString kNoUploadFile = QStringLiteral("noupload.txt");

class CharacterList : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit CharacterList(QObject* parent = nullptr);

    // Model for the view: DisplayRole is the entry text, CheckStateRole its tick.
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    int count() const { return static_cast<int>(m_entries.size()); }
    QString text(int index) const;
    bool isChecked(int index) const;
    void setChecked(int index, bool checked);

    // Appends a checked entry and grows FileDates so that its last index is the new entry's,
    // with no time recorded. Returns the new index. The text names the flavour when the game has
    // several.
    int append(const EntryPlace& place, bool severalFlavours = false);
    EntryPlace place(int index) const;
    // Which of the player's profiles an entry is, for the guild site, the same in every run and
    // without the game account's name: "FLAVOUR/REALM/CHARACTER", or "FLAVOUR/account-HASH" for an
    // account's own profile, HASH 8 hex digits from the account folder's name. FLAVOUR is the
    // flavour folder's name, empty for a game without flavour folders.
    QString profileId(int index) const;
    // True when an entry for this place, ignoring case, is in the list.
    bool InListAlready(const EntryPlace& place) const;
    // The entry for this place, ignoring case; -1 when there is none.
    int indexOf(const EntryPlace& place) const { return m_indexes.value(key(place), -1); }

    // FileDates: absent means no time recorded yet (differs from every file time).
    int fileDatesSize() const { return static_cast<int>(m_fileDates.size()); }
    std::optional<QDateTime> fileDate(int index) const;
    void setFileDate(int index, const std::optional<QDateTime>& time);
    // Re-creates FileDates with count() + 1 absent elements.
    void resetFileDates();

    int WatchIndex() const { return m_watchIndex; }
    void setWatchIndex(int index) { m_watchIndex = index; }
    // Moves WatchIndex to the next checked entry, wrapping round; unchanged when none is checked.
    void GetNextListIndexnoupload();

    // How many flavours the game had at the last walk.
    void setFlavourCount(int flavours) { m_flavourCount = flavours; }
    int flavourCount() const { return m_flavourCount; }

    // noupload.txt, in the given folder: this is its one reader and writer.
    // Checks every entry, then unchecks those named (after trimming spaces, exact case) by its
    // lines. A missing file leaves all checked. A line that names no flavour unchecks that folder
    // in every flavour.
    void CompareToHardDrive(const QString& settingsDir);
    // Writes a line per unchecked entry: its text; whenever the game has several flavours, or the
    // list holds entries of several, the entry with its flavour, so that no line written now is
    // read later as meaning every flavour. False when the file could not be written.
    bool SaveNoUpload(const QString& settingsDir) const;

private:
    struct Entry
    {
        QString text;
        EntryPlace place;
        bool checked = true;
    };
    static QString key(const EntryPlace& place);
    std::vector<Entry> m_entries;
    QHash<QString, int> m_indexes; // by upper-case text
    std::vector<std::optional<QDateTime>> m_fileDates;
    int m_watchIndex = -1;
    int m_flavourCount = 1;
};

} // namespace rostrel
