// The about box: the icon, what the demonstration shows, the enquiries link
// and OK.
#pragma once

#include <QDialog>

namespace sevrane::ui {

class DialogServices;

class CAboutDlg final : public QDialog {
    Q_OBJECT

public:
    CAboutDlg(DialogServices& services, QWidget* parent);
};

}  // namespace sevrane::ui
