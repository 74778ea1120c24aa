// The smallest program the host's image readers are tried on byte by byte: a plain ELF
// executable of a few kilobytes, so that every prefix and damaged copy of it stays cheap.
int main() {
  return 0;
}
