#pragma once

class CDiagToolApp;

// The whole run of the program, from reading the configuration to the closed
// main window. Needs a QApplication. Returns the process exit status.
int RunDiagTool(CDiagToolApp& app);
