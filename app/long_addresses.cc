// Addresses longer than the URL field in the program: the URL field's text
// for editing is the whole address (the editor, the grid's cell editor, the
// opener), its text for showing the first 100 characters (the grid, the
// search). A whole address typed or pasted is kept until the record is
// posted and then stored beside the URL table (whole_address.h).
#include <cmath>

#include "Unit1.h"
#include "catalogue/whole_address.h"
#include "xds/xdserror.h"
#include "xds/xdstable.h"

namespace {

// The address typed for the record being edited, until it is posted or
// cancelled; empty when the URL box was not written since.
bool AddressPending = false;
std::string PendingAddress;
uint32_t PendingId = 0;

uint32_t UrlIdOf(TDataSet& urls) {
  return static_cast<uint32_t>(std::lround(urls.FieldByName("URL_ID")->AsFloat()));
}

void Check(XDSRESULT r) { CheckXceResult(nullptr, r); }

}  // namespace

void TForm1::BindLongAddresses() {
  TField* url = HDSUrls->FindField("URL");
  url->OnGetText = [this](TField& field, std::string& text, bool displayText) {
    if (displayText) {
      text = field.AsString();
    } else if (AddressPending && (HDSUrls->State() == dsEdit || HDSUrls->State() == dsInsert) &&
               UrlIdOf(*HDSUrls) == PendingId) {
      text = PendingAddress;
    } else {
      text = CurrentAddress();
    }
  };
  url->OnSetText = [this](TField& field, const std::string& text) {
    field.SetAsString(catalogue::UrlFieldPart(text));
    PendingAddress = text;
    PendingId = UrlIdOf(*HDSUrls);
    AddressPending = true;
  };
  // The whole address goes into its table before the record is written and
  // the rows it replaces after, so that a save that fails or is killed
  // between leaves the record with its old address or its new one.
  HDSUrls->BeforePost = [this](TDataSet& DataSet) {
    if (AddressPending && LongAddresses) {
      Check(LongAddresses->Stage(UrlIdOf(DataSet), PendingAddress));
    }
  };
  HDSUrls->AfterPost = [this](TDataSet& DataSet) {
    if (AddressPending && LongAddresses) {
      AddressPending = false;
      Check(LongAddresses->Settle(UrlIdOf(DataSet), PendingAddress));
    }
  };
  HDSUrls->AfterCancel = [](TDataSet&) { AddressPending = false; };
}

std::string TForm1::CurrentAddress() {
  const std::string url = HDSUrls->FieldByName("URL")->AsString();
  if (!LongAddresses || !LongAddresses->open() || HDSUrls->IsEmpty()) {
    return url;
  }
  std::string address;
  Check(LongAddresses->Find(UrlIdOf(*HDSUrls), url, &address));
  return address;
}

void TForm1::OpenLongAddresses() {
  LongAddresses = std::make_unique<catalogue::WholeAddresses>(XdsConnection1->ConnectionHandle());
  Check(LongAddresses->OpenIfPresent(WorkingDirectory));
}

void TForm1::RemoveLongAddress(uint32_t id) {
  if (LongAddresses && LongAddresses->open()) {
    Check(LongAddresses->Remove(id));
  }
}

void TForm1::TidyLongAddresses() {
  if (LongAddresses && LongAddresses->open()) {
    Check(LongAddresses->Tidy(HDSUrls->TableHandle()));
    // The tidy moved the URL table past the layer; back to its first record.
    HDSUrls->First();
  }
}
