// The program's pictures, drawn in code so they are sharp at any scale.
#pragma once

#include <QPixmap>

class QPainter;
class TImageList;

// ImageList1, the URL tool bar: 0 blank page, 1 page with a pencil, 2 red
// cross, 3 diskette, 4 green check mark, 5 list, 6 globe, 7 question mark.
void FillUrlToolBarImages(TImageList* list);

// ImageList2, the section marks: 0 empty check box, 1 grey ticked check box,
// 2 ticked check box.
void FillSectionMarkImages(TImageList* list);

// ImageList3, the section tool bar: 0 green plus, 1 green plus with a
// folder, 2 red minus, 3 expand all, 4 collapse all.
void FillSectionToolBarImages(TImageList* list);

// The green check mark, 16 x 16 units; also the glyph of OK buttons.
void DrawCheckMark(QPainter& p);

// The About window's picture, 188 x 172 logical pixels at `devicePixelRatio`.
QPixmap AboutPicture(qreal devicePixelRatio);
