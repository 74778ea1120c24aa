// The stand-in for the desktop application, Korvadesk.exe.
//
// It carries the product version that the service reads (a version resource on Windows, a
// stamped section on the host) and, for now, does nothing else: it exits with 0.
int main() {
  return 0;
}
