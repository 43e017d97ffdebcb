"""What the program is, as the tests and the benchmark check it: each fact defined once here."""

# The i686 image's budget in bytes, 19 units of 512 (where its bytes go: docs/maintainers.md).
IMAGE_LIMIT = 9728
