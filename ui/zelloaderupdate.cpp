// The update sequence of the window. Placeholder until the sequence lands:
// the slots exist and are connected, but do nothing yet.
#include "zelloader.h"

void zelLoader::startUpdate() {}
void zelLoader::nextUpdate() {}
void zelLoader::updateRange(int, int) {}
void zelLoader::updatePosition(int) {}
void zelLoader::updateCanceled(zelUpdater::Err) {}
void zelLoader::updateState(zelUpdater::State, zelUpdater::Err) {}
void zelLoader::updateDone() {}
