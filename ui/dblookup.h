// The list of a lookup field: the records of its lookup dataset as pairs of
// key and shown text, for the drop-down lists of the grid and the lookup
// combo box.
#pragma once

#include <QString>
#include <vector>

#include "db/variant.h"

class QComboBox;
class TField;

struct TLookupItem {
  TVariant key;  // the lookup key fields' values (an array for several)
  QString text;  // the lookup result field's text
};

// The lookup dataset's records in its current order. The lookup dataset
// comes back to the record it was on; its controls see no movement. Empty
// while the lookup dataset is closed.
std::vector<TLookupItem> ReadLookupList(const TField& lookupField);

// The key the lookup field's record holds now: the values of its key fields.
TVariant LookupKeyValue(const TField& lookupField);

// The index of the item with that key; -1 when none has it.
int FindLookupItem(const std::vector<TLookupItem>& items, const TVariant& key);

// Puts the items' texts into a list box, in order.
void FillLookupBox(QComboBox& box, const std::vector<TLookupItem>& items);
