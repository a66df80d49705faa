#include "app/globals.h"

int CurrentDatabaseIndex = 0;
QString CurrentAliasName;
QString CurrentAliasPath;
QString CurrentAliasDriver;
QString PasswordPromptCaption;
QString LastPassword;
bool MasterPasswordSet = false;
bool RestructureMode = false;
QString RestructTargetDatabase;
QString RestructTargetTable;
QString NewTableType;
QString NewTableLevel;
bool PendingAliasMode = false;
QString PendingAliasName;
QString StartAliasPath;
QString StartAliasBcd;
QString StartAliasDriver;
int DeleteTablesOption = 1;
int CreateTablesOption = 2;
int MessagesOption = 0;

void ResetGlobals() {
  CurrentDatabaseIndex = 0;
  CurrentAliasName.clear();
  CurrentAliasPath.clear();
  CurrentAliasDriver.clear();
  PasswordPromptCaption.clear();
  LastPassword.clear();
  MasterPasswordSet = false;
  RestructureMode = false;
  RestructTargetDatabase.clear();
  RestructTargetTable.clear();
  NewTableType.clear();
  NewTableLevel.clear();
  PendingAliasMode = false;
  PendingAliasName.clear();
  StartAliasPath.clear();
  StartAliasBcd.clear();
  StartAliasDriver.clear();
  DeleteTablesOption = 1;
  CreateTablesOption = 2;
  MessagesOption = 0;
}
