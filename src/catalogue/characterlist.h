#pragma once
// The catalogue of profiles shown by the "Characters" list: one entry per folder holding the
// addon's saved-variables file, each with a check state (checked = upload), plus the per-entry
// last-seen file times (FileDates) and the cursor WatchIndex of the login and the watcher.
// Entries are only ever appended, so indices stay valid.

#include <QAbstractListModel>
#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace rostrel {

// The unchecked entries, one text a line, in the settings folder.
inline const QString kNoUploadFile = QStringLiteral("noupload.txt");

// Where an entry's profile lives: its flavour (see GameFolders) and its folder relative to that
// flavour's account folder, "\\SavedVariables" removed.
struct EntryPlace
{
    QString flavourName;
    QString flavourFolder;
    QString relative;
};

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
    // with no time recorded. Returns the new index. Without a place, the text is the folder
    // relative to the game folder's account folder.
    int append(const QString& text);
    int append(const QString& text, const EntryPlace& place);
    EntryPlace place(int index) const;
    // Which of the player's profiles an entry is, for the guild site, without the game account's
    // name: "FLAVOUR/REALM/CHARACTER", or "FLAVOUR/account-N" for an account's own profile, N the
    // account's place (1, 2, …) among the accounts in list order. FLAVOUR is empty with one flavour.
    QString profileId(int index) const;
    // True when an entry for this folder, ignoring case, is in the list (the text alone: an
    // entry of the game folder without flavours).
    bool InListAlready(const QString& text) const;
    bool InListAlready(const EntryPlace& place) const;

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

    // Checks every entry, then unchecks those named (after trimming spaces, exact case) by the
    // lines of noupload.txt in the given folder. A missing file leaves all checked. A line that
    // names no flavour unchecks that folder in every flavour.
    void CompareToHardDrive(const QString& settingsDir);
    // Texts of the unchecked entries, in list order.
    QStringList uncheckedTexts() const;

private:
    struct Entry
    {
        QString text;
        EntryPlace place;
        bool checked = true;
    };
    static QString key(const EntryPlace& place);
    std::vector<Entry> m_entries;
    QSet<QString> m_upperTexts;
    std::vector<std::optional<QDateTime>> m_fileDates;
    int m_watchIndex = -1;
};

} // namespace rostrel
