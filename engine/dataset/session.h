// The session of the data-set layer: the aliases of the configuration, the
// databases in use, the passwords tried on protected tables and the
// session's directories. There is one session, "MainSession" (Session()).
// Failures raise EDBEngineError (engine/dataset/dberror.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/dberror.h"
#include "engine/engine.h"

namespace engine {

class TSession;
class TTable;

// A database in use: a directory of tables, named by an alias or by its path.
class TDatabase {
 public:
  const std::string& DatabaseName() const { return name_; }
  const std::string& Directory() const { return directory_; }
  // "PARADOX" or "DBASE": the alias's default driver, PARADOX for a path.
  const std::string& DriverName() const { return driver_; }
  bool Connected() const { return handle_ != 0; }
  // Opened on behalf of a table rather than by OpenDatabase().
  bool Temporary() const { return temporary_; }
  hDBIDb Handle() const { return handle_; }

 private:
  friend class TSession;
  std::string name_, directory_, driver_;
  hDBIDb handle_ = 0;
  bool temporary_ = false;
  int users_ = 0;  // open tables using it
};

class TSession {
 public:
  // Raised when opening a table fails for want of a password. A handler that
  // added a password (AddPassword) returns true and the open is tried again.
  using PasswordEvent = std::function<bool(TSession&)>;

  TSession();
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  const std::string& SessionName() const { return name_; }

  // The session opens itself on first use; Close closes its tables and
  // databases.
  void Open();
  void Close();
  bool Active() const { return active_; }

  // Aliases of the configuration.
  std::vector<std::string> GetAliasNames();
  bool IsAlias(const std::string& name);
  // The alias's kind: "STANDARD" for a directory of table files (its
  // TYPE entry); the default table driver is a parameter of its own.
  std::string GetAliasDriverName(const std::string& alias);
  // PATH, ENABLE BCD, DEFAULT DRIVER, ... (the kind is GetAliasDriverName).
  std::vector<ConfigEntry> GetAliasParams(const std::string& alias);
  void AddStandardAlias(const std::string& name, const std::string& path,
                        const std::string& driver);
  void ModifyAlias(const std::string& name, const std::vector<ConfigEntry>& params);
  void DeleteAlias(const std::string& name);
  void SaveConfigFile();

  // The tables of a database (alias or directory) whose names match the
  // wildcard pattern (* and ?, "" for all), sorted by name. System tables
  // (the engine's own work tables, named with a leading '$') only when asked
  // for.
  std::vector<std::string> GetTableNames(const std::string& database,
                                         const std::string& pattern = "", bool extensions = true,
                                         bool systemTables = false);

  // Databases: the one open under `name`, opened when there is none.
  TDatabase& OpenDatabase(const std::string& name);
  void CloseDatabase(TDatabase& database);
  TDatabase* FindDatabase(const std::string& name);
  int DatabaseCount() const { return static_cast<int>(databases_.size()); }
  TDatabase& Databases(int index) { return *databases_.at(static_cast<std::size_t>(index)); }

  // Passwords tried when a protected table is opened.
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  PasswordEvent OnPassword;

  // Whether a database opened for a table stays open when the last table
  // using it closes (default: it does).
  bool KeepConnections() const { return keepConnections_; }
  void SetKeepConnections(bool keep);

  // The directory of the network control file and the private directory
  // (from the configuration until set here; an existing directory or "").
  std::string NetFileDir();
  void SetNetFileDir(const std::string& directory);
  std::string PrivateDir();
  void SetPrivateDir(const std::string& directory);

  // Runs an open, asking OnPassword for a password and retrying as long as
  // it fails with ErrPasswordRequired and the handler added one. Raises the
  // open's failure.
  void OpenWithPasswords(const std::function<Result()>& open);
  // While OnPassword runs: how many passwords it has already given for this
  // open that were not accepted (0 on the first question).
  int RefusedPasswords() const { return refusedPasswords_; }

 private:
  friend class TTable;
  int refusedPasswords_ = 0;
  TDatabase& acquireDatabase(const std::string& name);  // for a table
  void releaseDatabase(TDatabase& database);
  void closeDatabase(std::size_t index);
  void registerTable(TTable* table);
  void unregisterTable(TTable* table);

  std::string name_ = "MainSession";
  bool active_ = false;
  bool keepConnections_ = true;
  bool dirsLoaded_ = false;
  std::string netFileDir_, privateDir_;
  std::vector<std::unique_ptr<TDatabase>> databases_;
  std::vector<TTable*> tables_;
};

// The one session of the process.
TSession& Session();

}  // namespace engine
