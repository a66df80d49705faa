// Process-wide values through which the main window hands its context (the
// current alias, database and table) to the other windows. Strings start
// empty and numbers at 0.
#pragma once

#include <QString>

extern int CurrentDatabaseIndex;       // position in the session's open databases; -1 when none
extern QString CurrentAliasName;
extern QString CurrentAliasPath;
extern QString CurrentAliasDriver;     // "STANDARD" for file-based aliases
extern QString PasswordPromptCaption;  // database name + ": " + table name
extern QString LastPassword;
extern bool MasterPasswordSet;
extern bool RestructureMode;
extern QString RestructTargetDatabase;
extern QString RestructTargetTable;
extern QString NewTableType;   // "PARADOX" or "DBASE"
extern QString NewTableLevel;

// The alias being edited in the parameter grid: a new alias not yet saved,
// and the values its parameters had when the alias was selected.
extern bool PendingAliasMode;
extern QString PendingAliasName;
extern QString StartAliasPath;
extern QString StartAliasBcd;
extern QString StartAliasDriver;

// How applying a comparison treats tables to delete (0 not, 1 ask, 2
// automatically), tables to create (the same) and its messages (0 one
// after each table, 1 none). Held for the run, never saved.
extern int DeleteTablesOption;  // starts at 1
extern int CreateTablesOption;  // starts at 2
extern int MessagesOption;      // starts at 0

// Puts every value back to its starting value (used between tests).
void ResetGlobals();
