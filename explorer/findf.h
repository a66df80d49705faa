// The "Find in tree" window: searches the subtree of the selected node for
// nodes whose text matches, expanding as it goes, and lists the matches.
#pragma once

#include <QWidget>

class QAction;
class QComboBox;
class QListWidget;
class QPushButton;
class QTreeWidgetItem;
class TParadoxfrm;

class TFindF : public QWidget {
  Q_OBJECT
 public:
  explicit TFindF(TParadoxfrm* form);

  // Walks the tree from the selected node, selecting every node whose whole
  // text equals the combo box's text ignoring case and listing those of
  // levels 3, 4, 5 and 7; the selected node is selected again at the end.
  void BitBtn1Click();
  // Selects the tree node of the current result line.
  void ListBox1DblClick();
  void ClearSearchResult();

  QComboBox* ComboBox;
  QListWidget* ListBox1;
  QPushButton* BitBtn1;   // "&Find"
  QPushButton* CloseBtn;  // "&Close"
  QAction* ClearSearchResultItem;

 private:
  void addResult(QTreeWidgetItem* node);
  // The stored node of a result line when it is still in the tree.
  QTreeWidgetItem* nodeOf(int row) const;

  TParadoxfrm* form_;
};
