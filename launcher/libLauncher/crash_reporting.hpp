#pragma once

// Configures and starts crash reporting on the shared wrapper, then records the first
// breadcrumb and the user. Lets every std::exception through: the steps done before it stay
// done. Call once, on the main thread, before other threads exist.
void setSentry();
