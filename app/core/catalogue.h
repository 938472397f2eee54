// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace platform {
class IniFile;
}

// The device catalogue: main.ini names one description file per instrument model; each file
// gives the model's name, up to six journals and its record types. Loaded once at start-up.
namespace core {

// Traces every record-type section the loader probes (debug level, off unless enabled with
// QT_LOGGING_RULES="journal.catalogue.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcCatalogue)

// The connection settings, window position, save dialog memory and archive location kept in
// [Settings], [Position], [SaveDialog] and [Archive] of main.ini.
struct TConnectionSettings {
    // Text of the port item to select; nullopt when the key is missing (keep item 0).
    std::optional<QString> lastcomport;
    int lastcomspeed = 0;
    // Address; on saving nullopt leaves the key as it is (the address box holds no integer).
    std::optional<int> lastaddr = 1;
    int Retries = 5;
    // How long the reading waits for an answer, in milliseconds (key AnswerTime).
    int AnswerTime = 500;
    int LastDev = -1;
    int lastlink = 0; // 0 or 1
    // Window position; nullopt when the key is missing (keep the current position).
    std::optional<int> Top;
    std::optional<int> Left;
    // Window size (its normal size when maximised) and whether it was maximised, [Position]
    // Width, Height and Maximized; nullopt when the key is missing (keep the design's).
    std::optional<int> Width;
    std::optional<int> Height;
    std::optional<bool> Maximized;
    // The journal last selected for each device, by the device's catalogue index (0-based):
    // [Journals] DevN=J for the device of [Main] DevN and its journal J (from 1).
    std::map<int, int> journals;
    // The record types last ticked on the chart for each device, [Chart] DevN=ID,ID,...
    std::map<int, std::vector<std::int32_t>> chartTypes;
    // Folder and filter (1 text, 2 workbook) of the last save; nullopt when the key is missing
    // (on saving: leave it as it is). A folder the file's encoding cannot hold is not written.
    std::optional<QString> saveFolder;
    std::optional<int> saveFilter;
    // [Archive] Url= and Enabled=: where the journal archive is and whether it is used; nullopt
    // when the key is missing. Only read: SaveSettings leaves them as they are.
    std::optional<QString> archiveUrl;
    std::optional<int> archiveEnabled;
};

TConnectionSettings ReadConnectionSettings(const platform::IniFile& mainIni);

// Writes the settings into main.ini (re-read first, so that everything else in the file stays as
// it is) in one atomic replacement. On failure returns false with "Unable to write to <path>".
[[nodiscard]] bool SaveSettings(const QString& mainIniPath, const TConnectionSettings& settings,
                                QString* message);

// Re-reads main.ini, lets `edit` write its keys and replaces the file at once, so that everything
// else in it stays as it is. On failure returns false with "Unable to write to <path>".
[[nodiscard]] bool UpdateMainIni(const QString& mainIniPath,
                                 const std::function<void(platform::IniFile&)>& edit,
                                 QString* message);

// Writes only the answer time and the retries ([Settings] AnswerTime, Retries), where
// journal-read reads them, as SaveSettings writes the file. On failure returns false with
// "Unable to write to <path>".
[[nodiscard]] bool SaveLinkTimes(const QString& mainIniPath, int answerTime, int retries,
                                 QString* message);

// Appends a record type with a plain data type code.
void AddRecType(std::vector<TRecType>& list, std::int32_t ID, std::int32_t atype,
                const QString& name);

// Appends a value-list record type (atype 256) parsed from a text such as "0=закрыт;1=открыт".
// Items whose identifier is not an integer are skipped; their identifier texts are appended to
// `badIdentifiers` when given.
void AddListRecType(std::vector<TRecType>& list, std::int32_t ID, const QString& name,
                    const QString& listText, QStringList* badIdentifiers = nullptr);

// Splits a value-list text into items: blanks become no-break spaces first (and stay in the
// texts); items are separated by ";" and by control characters; an item in double quotes may
// carry ";" (a doubled quote inside stands for one quote).
QStringList SplitValueList(const QString& listText);

// Reads one device description. `label` names the file in error messages.
void ReadDevice(const platform::IniFile& file, TDevInfo& dev, const QString& label,
                QStringList* errors);

// A device file name from main.ini resolved against the program directory: "\" separators are
// accepted, and when the exact name does not exist a name that differs only in letter case is
// used (the files often come from Windows).
QString ResolveDeviceFile(const QString& directory, const QString& name);

// Where a device file name of main.ini is read from: beside `mainIniPath` when the file is there
// (a user's own device files sit beside their main.ini), otherwise in `deviceDirectory` (the
// installed catalogue). The two are the same folder outside an installation.
QString FindDeviceFile(const QString& mainIniPath, const QString& deviceDirectory,
                       const QString& name);

class TCatalogue {
public:
    // Reads <directory>/main.ini and every device description it names. A missing main.ini reads
    // as all defaults; a missing device file gives a device named "прибор" without journals.
    // Anything that is not a regular file counts as missing; a file larger than
    // IniFile::kMaxFileSize is not read either, with a message naming it in Errors.
    void Load(const QString& directory);
    // The same with main.ini and the folder of the installed device files given apart (an
    // installed program keeps the user's main.ini in the configuration folder): each device file
    // is looked for beside main.ini first, then in `deviceDirectory` (see FindDeviceFile).
    void Load(const QString& mainIniPath, const QString& deviceDirectory);

    QString MainIniPath;
    TConnectionSettings Settings;
    TDevList ListDev;
    // Problems found while loading, as messages for the user (loading goes on past them).
    QStringList Errors;

private:
    // Reads a catalogue file (a message when it is too large); true when it was read.
    bool readCatalogueFile(platform::IniFile& ini, const QString& path);
};

} // namespace core
