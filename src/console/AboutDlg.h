#pragma once
// The About box: the application icon, "Kestova, Version 1.0" and OK.
#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
