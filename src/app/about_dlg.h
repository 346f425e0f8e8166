#pragma once
// The about box: the program and its file version, the vendor's link, the
// notice line and the directory the program was set up in.

#include <QDialog>

class CHyperLink;
class QLabel;

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  QLabel* VersionLine() const { return m_stcVersion; }
  CHyperLink* Link() const { return m_ctlLink; }
  QLabel* NoticeLine() const { return m_stcNotice; }
  QLabel* SetupPathLine() const { return m_stcSetupPath; }

 private:
  void ShowSetupPath(const QString& line);

  QLabel* m_stcVersion;
  CHyperLink* m_ctlLink;
  QLabel* m_stcNotice;
  QLabel* m_stcSetupPath;
};
