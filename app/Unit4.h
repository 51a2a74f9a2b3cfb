// The link type window TForm4: the dictionary of link types in a grid over
// the main window's link type table (Unit4.ui). Made afresh at every use of
// the main window's button, shown without a modal loop while the main window
// is hidden, and released once closed.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

#include "db/datasource.h"

#include "ui_Unit4.h"

class QCloseEvent;
class TForm1;

class TForm4 : public QWidget, public Ui::TForm4 {
  Q_OBJECT

 public:
  // Owned by `owner`, whose link type table the grid shows.
  explicit TForm4(TForm1* owner);
  ~TForm4() override;

  TDataSource* DataSource1;

  // Posts a row still being edited and gives the main window back. A post
  // that fails throws: the close is refused and the main window stays
  // hidden, so the row is neither lost nor left behind a hidden window.
  virtual void FormCloseQuery(bool& CanClose);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  TForm1* owner_;
  std::unique_ptr<TDataSource> dataSource1_;
};

// The highest link type code the table held when the last insert started;
// the row being inserted is posted with the code one above it.
extern int32_t LastTypeCode;

// The link type code a stored code text holds. A text that is not a whole
// number of the code's range throws EConvertError with the runtime's
// conversion message.
[[nodiscard]] int32_t LinkTypeCode(const std::string& text);
