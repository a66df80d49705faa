// The demo database the program brings along: a small but complete set of
// tables written through our own engine, so that a first start has
// something to show.
#pragma once

#include <string>

#include "engine/errors.h"

// The master password of the demo's protected table and its read-only
// auxiliary password (the README names them).
inline constexpr char kDemoMasterPassword[] = "demo";
inline constexpr char kDemoReadOnlyPassword[] = "peek";

// Fills `directory` (created when missing) with the demo tables and query
// files; tables that exist are replaced.
engine::Result CreateDemoDatabase(const std::string& directory);

// On a first start, when the engine configuration file does not exist yet:
// writes the default configuration with an alias DEMO on `directory`,
// filled with the demo database. Does nothing when the file exists.
engine::Result EnsureDemoAlias(const std::string& directory);

// Where the demo database lives: $XDG_DATA_HOME/quarrydesk/demo, by
// default ~/.local/share/quarrydesk/demo.
std::string DefaultDemoDirectory();
