// The "Find in tree" window: searches the subtree of the selected node for
// nodes whose text matches, expanding as it goes.
#pragma once

#include <QWidget>

class TParadoxfrm;

class TFindF : public QWidget {
  Q_OBJECT
 public:
  explicit TFindF(TParadoxfrm* form);

 private:
  TParadoxfrm* form_;
};
