#pragma once
// Late-bound calls into the Shell's automation objects through IDispatch.

#include "core/guards.h"

#include <windows.h>
#include <oleauto.h>

#include <filesystem>
#include <string>

namespace qv {

// Calls member `name` as a method; args are in IDispatch order (index 0 = last argument).
ScopedVariant invokeShellMethod(IDispatch* object, const std::wstring& name, VARIANTARG* args,
                                unsigned argCount);

// Shell.Application.NameSpace(path): the Folder object.
ComPtr<IDispatch> openShellFolder(IDispatch* shell, const std::filesystem::path& path);

} // namespace qv
