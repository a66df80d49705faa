#include "engine/dataset/session.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "engine/config/config.h"
#include "engine/dataset/table.h"
#include "engine/handles.h"

namespace engine {

namespace {

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// Alias names compare without regard to case; paths exactly.
bool SameDatabase(const std::string& a, const std::string& b) {
  if (a.find('/') != std::string::npos || b.find('/') != std::string::npos) return a == b;
  return Lower(a) == Lower(b);
}

bool IsTableFile(const std::string& name) {
  std::string ext = Lower(std::filesystem::path(name).extension().string());
  return ext == ".db" || ext == ".dbf";
}

void CheckDirectory(const std::string& directory) {
  struct stat st {};
  if (!directory.empty() && (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    Check(Fail(ErrNotFound, directory + ": directory does not exist"));
}

}  // namespace

TSession& Session() {
  static TSession session;
  return session;
}

// The engine's handle registry must outlive every session, whose destructor
// closes databases through it: touching it here makes it exist before the
// session does (statics are destroyed in reverse order).
TSession::TSession() { (void)engine::FindDatabase(0); }

TSession::~TSession() { Close(); }

void TSession::Open() { active_ = true; }

void TSession::Close() {
  // Closing a table unregisters it.
  while (!tables_.empty()) tables_.back()->Close();
  while (!databases_.empty()) closeDatabase(databases_.size() - 1);
  active_ = false;
  dirsLoaded_ = false;
}

// ------------------------------------------------------------ aliases

std::vector<std::string> TSession::GetAliasNames() {
  Open();
  std::vector<std::string> names;
  Check(engine::GetAliasNames(names));
  return names;
}

bool TSession::IsAlias(const std::string& name) {
  for (const std::string& alias : GetAliasNames())
    if (Lower(alias) == Lower(name)) return true;
  return false;
}

std::string TSession::GetAliasDriverName(const std::string& alias) {
  Open();
  std::vector<ConfigEntry> entries;
  Check(engine::GetAliasParams(alias, entries));
  for (const ConfigEntry& e : entries)
    if (e.name == "TYPE") return e.value;
  return std::string();
}

std::vector<ConfigEntry> TSession::GetAliasParams(const std::string& alias) {
  Open();
  std::vector<ConfigEntry> params;
  Check(engine::GetAliasParams(alias, params));
  std::erase_if(params, [](const ConfigEntry& e) { return e.name == "TYPE"; });
  return params;
}

void TSession::AddStandardAlias(const std::string& name, const std::string& path,
                                const std::string& driver) {
  Open();
  Check(engine::AddStandardAlias(name, path, driver));
}

void TSession::ModifyAlias(const std::string& name, const std::vector<ConfigEntry>& params) {
  Open();
  Check(engine::ModifyAlias(name, params));
}

void TSession::DeleteAlias(const std::string& name) {
  Open();
  Check(engine::DeleteAlias(name));
}

void TSession::SaveConfigFile() {
  Open();
  Check(engine::SaveConfigFile());
}

std::vector<std::string> TSession::GetTableNames(const std::string& database,
                                                 const std::string& pattern, bool extensions,
                                                 bool systemTables) {
  Open();
  std::string directory;
  if (TDatabase* db = FindDatabase(database)) {
    directory = db->Directory();
  } else {
    std::string name;
    Check(ResolveDatabaseName(database, name, directory));
  }
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  if (ec) Check(Fail(ErrNotFound, directory + ": cannot list the directory: " + ec.message()));
  std::vector<std::string> names;
  for (const auto& entry : it) {
    std::string file = entry.path().filename().string();
    if (!entry.is_regular_file(ec) || !IsTableFile(file)) continue;
    if (!systemTables && file[0] == '$') continue;
    if (!pattern.empty() && ::fnmatch(pattern.c_str(), file.c_str(), FNM_CASEFOLD) != 0 &&
        ::fnmatch(pattern.c_str(), entry.path().stem().c_str(), FNM_CASEFOLD) != 0)
      continue;
    names.push_back(extensions ? file : entry.path().stem().string());
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return Lower(a) < Lower(b) || (Lower(a) == Lower(b) && a < b);
  });
  return names;
}

// ------------------------------------------------------------ databases

TDatabase* TSession::FindDatabase(const std::string& name) {
  for (auto& db : databases_)
    if (SameDatabase(db->name_, name)) return db.get();
  return nullptr;
}

TDatabase& TSession::acquireDatabase(const std::string& name) {
  Open();
  TDatabase* db = FindDatabase(name);
  if (!db) {
    auto fresh = std::make_unique<TDatabase>();
    hDBIDb handle = 0;
    Check(engine::OpenDatabase(name, handle));
    DatabaseDesc alias;
    const bool isAlias = IsValidAliasName(name) && GetDatabaseDesc(name, alias) == Ok;
    ClearLastError();
    fresh->name_ = name;
    Check(GetDatabaseDirectory(handle, fresh->directory_));
    fresh->driver_ = isAlias ? alias.driverType : "PARADOX";
    fresh->handle_ = handle;
    fresh->temporary_ = true;
    databases_.push_back(std::move(fresh));
    db = databases_.back().get();
  }
  ++db->users_;
  return *db;
}

void TSession::releaseDatabase(TDatabase& database) {
  if (database.users_ > 0) --database.users_;
  if (database.users_ > 0 || !database.temporary_ || keepConnections_) return;
  for (std::size_t i = 0; i < databases_.size(); ++i)
    if (databases_[i].get() == &database) return closeDatabase(i);
}

TDatabase& TSession::OpenDatabase(const std::string& name) {
  TDatabase& db = acquireDatabase(name);
  --db.users_;
  db.temporary_ = false;
  return db;
}

void TSession::CloseDatabase(TDatabase& database) {
  for (TTable* t : std::vector<TTable*>(tables_))
    if (SameDatabase(t->DatabaseName(), database.DatabaseName())) t->Close();
  for (std::size_t i = 0; i < databases_.size(); ++i)
    if (databases_[i].get() == &database) return closeDatabase(i);
}

void TSession::closeDatabase(std::size_t index) {
  engine::CloseDatabase(databases_[index]->handle_);
  databases_.erase(databases_.begin() + static_cast<std::ptrdiff_t>(index));
}

void TSession::SetKeepConnections(bool keep) {
  keepConnections_ = keep;
  if (keep) return;
  for (std::size_t i = databases_.size(); i-- > 0;)
    if (databases_[i]->temporary_ && databases_[i]->users_ == 0) closeDatabase(i);
}

void TSession::registerTable(TTable* table) { tables_.push_back(table); }

void TSession::unregisterTable(TTable* table) {
  tables_.erase(std::remove(tables_.begin(), tables_.end(), table), tables_.end());
}

// ------------------------------------------------------------ passwords

void TSession::AddPassword(const std::string& password) {
  Open();
  engine::AddPassword(password);
}

void TSession::RemovePassword(const std::string& password) { engine::RemovePassword(password); }

void TSession::RemoveAllPasswords() { engine::RemoveAllPasswords(); }

void TSession::OpenWithPasswords(const std::function<Result()>& open) {
  Open();
  for (int refused = 0;; ++refused) {
    Result r = open();
    if (r == ErrPasswordRequired) {
      // The handler may open tables itself: keep the failure's message.
      std::string message = LastErrorMessage();
      const int outer = refusedPasswords_;  // the handler's own opens may ask too
      refusedPasswords_ = refused;
      const bool added = OnPassword && OnPassword(*this);
      refusedPasswords_ = outer;
      if (added) continue;
      throw EDBEngineError(r, message);
    }
    Check(r);
    return;
  }
}

// ------------------------------------------------------------ directories

std::string TSession::NetFileDir() {
  Open();
  if (!dirsLoaded_) {
    Check(GetConfigValue("\\drivers\\paradox\\init", "NET DIR", netFileDir_));
    Check(GetConfigValue("\\system\\init", "PRIVATE DIR", privateDir_));
    dirsLoaded_ = true;
  }
  return netFileDir_;
}

void TSession::SetNetFileDir(const std::string& directory) {
  CheckDirectory(directory);
  NetFileDir();
  netFileDir_ = directory;
}

std::string TSession::PrivateDir() {
  NetFileDir();
  return privateDir_;
}

void TSession::SetPrivateDir(const std::string& directory) {
  CheckDirectory(directory);
  NetFileDir();
  privateDir_ = directory;
}

}  // namespace engine
