// Parses and loads the file named by its one argument through the library,
// the parsed text in a buffer of exactly its size, so that a checker run
// around it (valgrind) sees any read past the text.
#include <fstream>
#include <iterator>
#include <string>

#include "tool/xml_node.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string text(read.data(), read.size());
  tool::XmlDocument parsed;
  parsed.Parse(text);
  tool::XmlDocument loaded;
  loaded.LoadFile(argv[1]);
  return 0;
}
