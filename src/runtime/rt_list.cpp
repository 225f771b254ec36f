// The list control that keeps no texts (a table model that asks the player for the cells
// of the rows being painted) and the single-line text field.
#include <QAbstractTableModel>
#include <QApplication>
#include <QCursor>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <cmath>
#include <vector>

#include "runtime/rt_internal.h"

namespace rt {

namespace {

class ListModel : public QAbstractTableModel {
 public:
  ListModel(QObject* parent, int window, int gadget, ListCellText source)
      : QAbstractTableModel(parent), window(window), gadget(gadget), source(source) {}

  struct Column {
    QString title;
    int flags = ListAlignLeft;
  };
  int window, gadget;
  ListCellText source;
  int rows = 0;
  std::vector<Column> columns;

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : rows; }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(columns.size());
  }

  static QVariant Alignment(int flags) {
    Qt::Alignment a = Qt::AlignVCenter;
    a |= flags == ListAlignRight ? Qt::AlignRight : flags == ListAlignCenter ? Qt::AlignHCenter : Qt::AlignLeft;
    return QVariant::fromValue(a);
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= rows || index.column() >= static_cast<int>(columns.size())) return {};
    if (role == Qt::DisplayRole) return source ? ToQ(source(window, gadget, index.row(), index.column())) : QString();
    if (role == Qt::TextAlignmentRole)
      return Alignment(index.column() == 0 ? ListAlignLeft : columns[index.column()].flags);
    return {};
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(columns.size())) return {};
    if (role == Qt::DisplayRole) return columns[section].title;
    if (role == Qt::TextAlignmentRole) return Alignment(section == 0 ? ListAlignLeft : columns[section].flags);
    return {};
  }

  void Reset(int count) {
    beginResetModel();
    rows = count;
    endResetModel();
  }
  void Insert(int row, int count) {
    beginInsertRows(QModelIndex(), row, row + count - 1);
    rows += count;
    endInsertRows();
  }
  void AddColumn(const QString& title, int flags) {
    const int n = static_cast<int>(columns.size());
    beginInsertColumns(QModelIndex(), n, n);
    columns.push_back({title, flags});
    endInsertColumns();
  }
  void Changed() {
    // One range over everything: the view repaints what it shows and asks nothing else.
    if (rows > 0 && !columns.empty())
      emit dataChanged(index(0, 0), index(rows - 1, static_cast<int>(columns.size()) - 1), {Qt::DisplayRole});
  }
};

// The view with the flag that keeps the player's own changes from becoming events.
class ListView : public QTableView {
 public:
  using QTableView::QTableView;
  bool quiet = false;

 protected:
  // Home and End go to the first and the last row, as in a list (a table keeps the row
  // and goes to its first or last cell).
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override {
    if (action == MoveHome || action == MoveEnd) modifiers |= Qt::ControlModifier;
    return QTableView::moveCursor(action, modifiers);
  }
};

struct ListParts {
  ListView* view = nullptr;
  ListModel* model = nullptr;
};

ListParts PartsOf(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g || g->kind != GadgetKind::List) return {};
  auto* view = static_cast<ListView*>(g->widget.data());
  return {view, static_cast<ListModel*>(view->model())};
}

QColor Mix(const QColor& a, const QColor& b, int percentB) {
  auto ch = [percentB](int x, int y) { return (x * (100 - percentB) + y * percentB + 50) / 100; };
  return QColor(ch(a.red(), b.red()), ch(a.green(), b.green()), ch(a.blue(), b.blue()));
}

}  // namespace

void ApplyListColors(Gadget& g) {
  auto* view = qobject_cast<QTableView*>(g.widget.data());
  if (!view) return;
  QPalette pal = view->palette();
  // Selected rows in a mix of the two colours, the same when the list has no focus.
  QColor base = pal.color(QPalette::Base), text = pal.color(QPalette::Text);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    pal.setColor(group, QPalette::Highlight, Mix(base, text, 25));
    pal.setColor(group, QPalette::HighlightedText, text);
  }
  view->setPalette(pal);
  view->viewport()->setPalette(pal);
  view->horizontalHeader()->setPalette(pal);
}

void ApplyListFont(Gadget& g) {
  auto* view = qobject_cast<QTableView*>(g.widget.data());
  if (!view) return;
  view->horizontalHeader()->setFont(view->font());
  // A little air above and below each line, as the system's list views keep.
  const double spacing = QFontMetricsF(view->font()).lineSpacing();
  view->verticalHeader()->setMinimumSectionSize(1);
  view->verticalHeader()->setDefaultSectionSize(static_cast<int>(std::ceil(spacing * 1.25)));
}

}  // namespace rt

using namespace rt;

int StringGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  auto* e = new QLineEdit(w->widget);
  e->setMaxLength(kStringGadgetMaxLength);
  e->setText(ToQ(text));
  QObject::connect(e, &QLineEdit::textEdited, e, [window, gadget](const QString& now) {
    if (Gadget* g = FindGadget(window, gadget)) g->text = FromQ(now);
    PushEvent(EventGadget, window, gadget, GadgetChange, 0, 0, 0, false);
  });
  Gadget* g = AddGadget(window, gadget, GadgetKind::String, e, x, y, width, height);
  if (!g) return 0;
  g->text = FromQ(e->text());
  return 1;
}

int ListGadget(int window, int gadget, int x, int y, int width, int height, ListCellText cellText) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  auto* view = new ListView(w->widget);
  auto* model = new ListModel(view, window, gadget, cellText);
  view->setModel(model);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setShowGrid(false);
  view->setWordWrap(false);
  view->setTextElideMode(Qt::ElideRight);
  view->setCornerButtonEnabled(false);
  view->setTabKeyNavigation(false);
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  // Fixed row heights and column widths: nothing asks for rows that are not shown.
  view->verticalHeader()->hide();
  view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view->horizontalHeader()->setHighlightSections(false);
  view->horizontalHeader()->setSectionsClickable(false);
  view->horizontalHeader()->setStretchLastSection(false);
  view->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  view->setFocusPolicy(Qt::StrongFocus);
  QObject::connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, view, [view, window, gadget]() {
    if (!view->quiet) PushEvent(EventGadget, window, gadget, GadgetSelectionChange, 0, 0, 0, false);
  });
  QObject::connect(view, &QAbstractItemView::clicked, view, [view, window, gadget](const QModelIndex& index) {
    QPoint p = view->viewport()->mapFromGlobal(QCursor::pos());
    PushEvent(EventGadget, window, gadget, GadgetLeftClick, index.isValid() ? index.row() : -1, p.x(), p.y(), false);
  });
  QObject::connect(view, &QAbstractItemView::activated, view, [window, gadget](const QModelIndex& index) {
    if (index.isValid()) PushEvent(EventGadget, window, gadget, GadgetLeftDoubleClick, index.row(), 0, 0, false);
  });
  QObject::connect(view, &QWidget::customContextMenuRequested, view, [view, window, gadget](const QPoint& p) {
    const int row = view->rowAt(p.y());
    PushEvent(EventGadget, window, gadget, GadgetRightClick, row, p.x(), p.y(), false);
  });
  Gadget* g = AddGadget(window, gadget, GadgetKind::List, view, x, y, width, height);
  if (!g) return 0;
  ApplyListFont(*g);
  return 1;
}

int AddListColumn(int window, int gadget, const std::string& title, int width, int flags) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view) return -1;
  p.model->AddColumn(ToQ(title), flags);
  const int column = p.model->columnCount(QModelIndex()) - 1;
  p.view->setColumnWidth(column, std::max(width, 0));
  return column;
}

void SetListColumnWidth(int window, int gadget, int column, int width) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view || column < 0 || column >= p.model->columnCount(QModelIndex())) return;
  p.view->setColumnWidth(column, std::max(width, 0));
}

int ListColumnWidth(int window, int gadget, int column) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view || column < 0 || column >= p.model->columnCount(QModelIndex())) return 0;
  return p.view->columnWidth(column);
}

int ListColumnAt(int window, int gadget, int x) {
  ListParts p = PartsOf(window, gadget);
  return p.view ? p.view->columnAt(x) : -1;
}

void SetListRowCount(int window, int gadget, int count) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view) return;
  p.view->quiet = true;
  p.model->Reset(std::max(count, 0));
  p.view->scrollToTop();
  p.view->quiet = false;
}

int ListRowCount(int window, int gadget) {
  ListParts p = PartsOf(window, gadget);
  return p.view ? p.model->rows : 0;
}

void InsertListRows(int window, int gadget, int row, int count) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view || count <= 0) return;
  row = std::clamp(row, 0, p.model->rows);
  QScrollBar* bar = p.view->verticalScrollBar();
  const int top = bar->value();
  p.view->quiet = true;
  p.model->Insert(row, count);
  // Scrolled down: the rows come in above what the listener reads, which stays in place.
  if (top > 0 && row <= top) bar->setValue(top + count);
  p.view->quiet = false;
}

void RefreshListRows(int window, int gadget) {
  ListParts p = PartsOf(window, gadget);
  if (p.view) p.model->Changed();
}

int ListSelectedRows(int window, int gadget, std::vector<int>* rows) {
  ListParts p = PartsOf(window, gadget);
  if (rows) rows->clear();
  if (!p.view) return 0;
  // By ranges: Ctrl+A over 100 000 rows is one range, not 100 000 indexes.
  std::vector<std::pair<int, int>> ranges;
  for (const QItemSelectionRange& r : p.view->selectionModel()->selection()) ranges.push_back({r.top(), r.bottom()});
  std::sort(ranges.begin(), ranges.end());
  int count = 0, last = -1;
  for (auto [top, bottom] : ranges) {
    for (int row = std::max(top, last + 1); row <= bottom; ++row) {
      if (rows) rows->push_back(row);
      ++count;
    }
    last = std::max(last, bottom);
  }
  return count;
}

void SetListRowSelected(int window, int gadget, int row, int selected) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view || row < -1 || row >= p.model->rows || p.model->columns.empty()) return;
  const int last = static_cast<int>(p.model->columns.size()) - 1;
  QItemSelection range = row == -1 ? QItemSelection(p.model->index(0, 0), p.model->index(p.model->rows - 1, last))
                                   : QItemSelection(p.model->index(row, 0), p.model->index(row, last));
  if (row == -1 && p.model->rows == 0) return;
  p.view->quiet = true;
  p.view->selectionModel()->select(range, selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
  p.view->quiet = false;
}

int ListCurrentRow(int window, int gadget) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view) return -1;
  QModelIndex i = p.view->selectionModel()->currentIndex();
  return i.isValid() ? i.row() : -1;
}

void SetListCurrentRow(int window, int gadget, int row) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view || row < 0 || row >= p.model->rows || p.model->columns.empty()) return;
  p.view->quiet = true;
  QModelIndex i = p.model->index(row, 0);
  p.view->selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  p.view->scrollTo(i);
  p.view->quiet = false;
}

int ListTopRow(int window, int gadget) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view || p.model->rows == 0) return 0;
  const int row = p.view->rowAt(0);
  return row < 0 ? 0 : row;
}

int ListVisibleRows(int window, int gadget) {
  ListParts p = PartsOf(window, gadget);
  if (!p.view) return 0;
  const int h = std::max(p.view->verticalHeader()->defaultSectionSize(), 1);
  return std::max(p.view->viewport()->height() / h, 0);
}
