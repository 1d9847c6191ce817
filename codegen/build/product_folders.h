// Install folders of related products, read from the registry for the
// makefile lines that name them ("VAR = %Product").
#pragma once

#include <functional>
#include <string>

#include "platform/registry.h"
#include "platform/status.h"

class BvuStatusAndMsg;

// One compatible version of the product from its compatibility list
// (current user first, then the machine): the value named by *digit, which
// then goes up by one. 0, or 0x80004005 when the value is missing or the
// digit was '9'; a registry error when the list cannot be opened. *key is
// opened on first use and left for the caller to close.
Status ReadCompatibilityKey(platform::HKEY* key, const char* product, char* digit,
                            std::string* version);

// Replaces the last '%' of the line and what follows by the product's root
// folder; null on success, else a warning for the caller to emit (the
// warning count has gone up by one).
BvuStatusAndMsg* FindProductFolder(std::string* line);

// The newest Intel Fortran install folder above version 17 in the registry;
// empty when none.
std::string FindIntelFortranFolder();

// The export makefile's lines naming the related products' folders; a
// folder not found keeps its "%" text, closed by a full stop, and its
// warning goes to the report unless quiet.
std::string ExportProductFolderLines(const std::function<void(BvuStatusAndMsg*)>& report,
                                     bool quiet);
