#pragma once
// The text of what an update writes into its run folder (run_folder.h) before it changes the
// first name below the installation folder, so that a run that ends before the update has landed
// or been put back (killed, a crash, a power cut) can be undone by the next run. A field of the
// record is added here (RecordedFile or UpdateRecord, recordText, parseRecord) and where the
// update learns its value (file_update.cpp).
//
// The record names every target by its place below the installation folder (a folder path of
// plain names, then the file's name) and by number, which places its new file and its old copy
// in the run folder. Nothing else can be named, so a record read back reaches nothing outside
// the installation folder and the run folder. The text is UTF-16, one entry a line, fields split
// by tabs: no file name holds either character.

#include "core/held_folder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct RecordedFile {
    std::size_t number = 0;    // 1-based, in the order the files take their names
    std::wstring folder;       // below the installation folder, '\'-separated; empty: itself
    std::wstring name;         // the package's spelling, or the old file's own once moved aside
    std::uint64_t newFile = 0; // the new file's identity on its volume
};

struct UpdateRecord {
    std::vector<std::wstring> madeFolders; // in the order they are made
    std::vector<RecordedFile> files;
    bool committed = false; // every new file has its name: the update stands
};

// The record's text up to its end mark; what is appended later follows it.
std::wstring recordText(const UpdateRecord& record);
// Appended once the old file at N's target has moved aside under another spelling of its name.
std::wstring spellingLine(std::size_t number, std::wstring_view name);
// Appended once every new file has its name.
std::wstring committedLine();

// The record in `text`, or nothing when it does not parse (cut short before its end mark, a
// name that is not a plain name, a number out of order). A line cut short after the end mark
// is one whose writing the run did not live to finish: it is left out.
std::optional<UpdateRecord> parseRecord(std::wstring_view text);

// How a file's bytes are made durable (FlushFileBuffers, or a test's stand-in).
using FileFlush = BOOL(WINAPI*)(HANDLE file);

// Writes `text` at the open file's position and, with `flush`, makes it durable through it.
// Returns the system's error code, 0 on success.
DWORD writeRecordText(HANDLE file, std::wstring_view text, FileFlush flush);

// Appends `text` at the open file's position and makes it durable through `flush`. Where either
// fails, the file is cut back to where it ended, flushed (where even that fails, the put-back that
// follows still runs; should it finish, the record goes with it). Returns the first error, 0 on
// success.
DWORD appendOrCut(HANDLE file, std::wstring_view text, FileFlush flush);

// The whole text of the open record into `text`. Returns the system's error code, 0 on success:
// ERROR_FILE_TOO_LARGE past 64 MiB (a record of a million files is far below that, and nothing
// larger is read), ERROR_INVALID_DATA for a size no UTF-16 text has.
DWORD readRecordText(HANDLE file, std::wstring& text);

// The open file's identity on its volume (its file index); 0 when the system cannot tell.
std::uint64_t fileIdentity(HANDLE file);

} // namespace qv
