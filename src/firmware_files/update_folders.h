#pragma once
// The three folders an update reads its files from, and whether each can be
// read. A folder that cannot be read lists no file, exactly like a folder
// that holds no newer version: whoever offers or runs an update checks the
// folders first, so "nothing to update" is never said for files never seen.
#include <string>
#include <vector>

struct UpdateFolders {
    std::wstring main;       // firmware and language files
    std::wstring booter;     // main + "/_BOOTER"
    std::wstring accessori;  // main + "/_ACCESSORI"
};

// The folders below main. An empty main names no folder at all (never the
// working folder), so all three stay empty.
UpdateFolders UpdateFoldersOf(const std::wstring& main);

enum class FolderState {
    Ok,
    NoName,      // empty path
    Missing,     // nothing there, or a part of the path is not a folder
    NotAFolder,  // a file or anything else
    Unreadable,  // there, but its entries cannot be listed
};

struct FolderProblem {
    std::wstring path;
    FolderState state;
};

FolderState CheckFolder(const std::wstring& path);
// Every folder of the three that is not Ok, in the order main, _BOOTER, _ACCESSORI.
std::vector<FolderProblem> CheckUpdateFolders(const UpdateFolders& folders);
// "is missing", "is not a folder", ... for a message about the folder.
const char* FolderStateText(FolderState state);
