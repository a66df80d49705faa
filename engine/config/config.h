// The engine configuration: aliases (named database directories), the
// session directories, system settings and the driver settings, kept in a
// text file (format: docs/engine-config.md).
//
// The file is $QUARRY_CONFIG, else $XDG_CONFIG_HOME/quarrydesk/engine.cfg
// (~/.config/quarrydesk/engine.cfg without XDG_CONFIG_HOME). It is read on
// first use and written with the defaults when it does not exist yet; a
// path that names a directory fails with ErrConfig.
// Changes to aliases stay in memory until SaveConfigFile() writes them.
#pragma once

#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/records.h"

namespace engine::paradox {
struct CreateDefaults;
}

namespace engine {

// The configuration file in use (for the override, the environment or the
// default location, in that order).
std::string ConfigFilePath();
// Uses `path` instead of the environment's file; "" goes back to it. Drops
// the loaded configuration (and any unsaved change).
void SetConfigFile(const std::string& path);
// Reads the file again, dropping unsaved changes.
Result ReloadConfig();
// Whether aliases were added, changed or deleted since the file was last
// read or written.
bool ConfigHasUnsavedChanges();

// An alias: ErrUnknownAlias when there is none of that name.
Result GetDatabaseDesc(const std::string& alias, DatabaseDesc& desc);
Result GetSystemConfig(SystemConfig& config);

// The entries of one configuration node, e.g. "\drivers\paradox\init", in
// their fixed order; for a node that holds other nodes ("\databases",
// "\drivers"), one entry per child with an empty value. Read with
// GetNextRecord(cursor, ConfigEntry&).
Result OpenConfigList(const std::string& path, hDBICur& cursor);
// One entry's value of a node ("\drivers\paradox\init", "NET DIR").
Result GetConfigValue(const std::string& path, const std::string& name, std::string& value);

// Aliases, in the order they were added.
Result GetAliasNames(std::vector<std::string>& names);
// TYPE, PATH, ENABLE BCD, DEFAULT DRIVER, in that order.
Result GetAliasParams(const std::string& alias, std::vector<ConfigEntry>& params);
// A STANDARD alias for the directory `path`; driver "PARADOX" (or "") or "DBASE".
Result AddStandardAlias(const std::string& name, const std::string& path,
                        const std::string& driver);
// Changes the named entries of an alias (PATH, ENABLE BCD, DEFAULT DRIVER, TYPE).
Result ModifyAlias(const std::string& name, const std::vector<ConfigEntry>& params);
Result DeleteAlias(const std::string& name);
// Writes the configuration to its file (a new file beside it, then renamed
// over it, so a failed write leaves the old file whole).
Result SaveConfigFile();

// Whether `name` could name an alias: 1 to 31 bytes, none of \ / : * ? " < > | [ ] =
// or control characters, no leading or trailing blanks.
bool IsValidAliasName(const std::string& name);

// The defaults of new Paradox tables: LEVEL and BLOCK SIZE of
// "\drivers\paradox\table create", LANGDRIVER of "\drivers\paradox\init".
Result GetCreateDefaults(paradox::CreateDefaults& defaults);

// A database name as OpenDatabase takes it: a configured alias gives its name
// and PATH; anything else is a directory and names itself.
Result ResolveDatabaseName(const std::string& name, std::string& databaseName,
                           std::string& directory);

// A table named as a path or as ALIAS:TABLE ("WORK:ORDERS" -> the ORDERS.DB
// of the alias's directory; .DBF for a dBASE alias when no extension is
// given). An existing file is taken as a path even when it holds a colon.
// Table names ignore case: the file found is the one on disk (MatchFileCase).
Result ResolveTableName(const std::string& name, std::string& path);

// `path` when it exists or when its directory holds no file of that name in
// another case; else the file whose name differs only in case ("orders.db"
// for ".../ORDERS.DB").
std::string MatchFileCase(const std::string& path);

}  // namespace engine
