#pragma once

#include <QFont>
#include <QLabel>

namespace kolvaro {

// A bold caption at a fixed place, as the dialogs' forms lay them out.
inline QLabel* boldLabel(const QString& text, QWidget* parent, int x, int y) {
    auto* label = new QLabel(text, parent);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    label->adjustSize();
    label->move(x, y);
    return label;
}

} // namespace kolvaro
