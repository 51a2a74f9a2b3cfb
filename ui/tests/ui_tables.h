// In-memory tables shaped like the catalogue's URL and link type tables,
// for the data-aware controls' tests.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTest>
#include <string>

#include "db/datasource.h"
#include "db/mem_dataset.h"
#include "gui_test_support.h"

namespace uitest {

// HDSType (TYPE_ID, TYPE_NAME) with three types, and HDSUrls (URL, NAME,
// ADRESTYPE, DESCR and the lookup URL_TYPE) with `count` records
// "u1".."uN", named "name1".., of types cycling 1, 2, 3.
struct UrlTables {
  TMemDataSet types;
  TMemDataSet urls;
  TField* urlType = nullptr;
  TDataSource source;

  explicit UrlTables(int count) {
    types.SetName("HDSType");
    types.FieldDefs().Add("TYPE_ID", ftString, 10);
    types.FieldDefs().Add("TYPE_NAME", ftString, 100);
    types.Open();
    types.AppendRecord({TVariant("1"), TVariant("\xd1\xe0\xe9\xf2")});
    types.AppendRecord({TVariant("2"), TVariant("\xcf\xee\xf7\xf2\xe0")});
    types.AppendRecord({TVariant("3"), TVariant("FTP")});
    types.First();

    urls.SetName("HDSUrls");
    urls.FieldDefs().Add("URL", ftString, 40);
    urls.FieldDefs().Add("NAME", ftString, 30);
    urls.FieldDefs().Add("ADRESTYPE", ftString, 10);
    urls.FieldDefs().Add("DESCR", ftMemo);
    AddField<TStringField>(urls, "URL", 40);
    AddField<TStringField>(urls, "NAME", 30)->SetDisplayLabel("\xcd\xe0\xe7\xe2\xe0\xed\xe8\xe5");
    AddField<TStringField>(urls, "ADRESTYPE", 10);
    AddField<TMemoField>(urls, "DESCR");
    urlType = AddField<TStringField>(urls, "URL_TYPE", 100);
    urlType->SetFieldKind(fkLookup);
    urlType->SetKeyFields("ADRESTYPE");
    urlType->SetLookupDataSet(&types);
    urlType->SetLookupKeyFields("TYPE_ID");
    urlType->SetLookupResultField("TYPE_NAME");
    urlType->SetDisplayLabel("\xd2\xe8\xef");
    urls.Open();
    for (int i = 1; i <= count; ++i) {
      urls.AppendRecord({TVariant("u" + std::to_string(i)), TVariant("name" + std::to_string(i)),
                         TVariant(std::to_string((i - 1) % 3 + 1)), TVariant("d" + std::to_string(i))});
    }
    urls.First();
    source.SetDataSet(&urls);
  }
};

// Types text into a widget key by key, as a keyboard would (a line feed
// is the Enter key); unlike QTest::keyClicks it takes any character.
inline void TypeText(QWidget* widget, const QString& text) {
  for (QChar c : text) {
    if (c == QLatin1Char('\n')) {
      QTest::keyClick(widget, Qt::Key_Return);
      continue;
    }
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &release);
  }
}

// Answers the next message box with the button `answer` and keeps its text.
inline guitest::ModalWatcher AnswerBox(QMessageBox::StandardButton answer, QString* text) {
  return guitest::ModalWatcher([answer, text](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    *text = box->text();
    box->button(answer)->click();
  });
}

}  // namespace uitest
