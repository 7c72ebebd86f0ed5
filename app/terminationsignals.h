#pragma once

class QWidget;

// Closes `window` (running its close event, so recordings are completed and the configuration
// saved) when the process receives SIGINT or SIGTERM. Does nothing where there are no such
// signals. Call once, from the GUI thread.
void closeOnTerminationSignals(QWidget* window);
