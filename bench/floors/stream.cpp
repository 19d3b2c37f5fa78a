// SPDX-License-Identifier: MIT
// The smallest C++ program that reads a number through std::cin and prints it with
// std::endl: the floor of any program built on the standard streams, linked as ours are.
#include <iostream>

int main() {
  int number = 0;
  std::cin >> number;
  std::cout << number << std::endl;
}
