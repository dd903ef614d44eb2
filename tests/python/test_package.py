"""The quelt package: what it re-exports of queltcore."""
import unittest

import queltcore
import quelt


class ReExport(unittest.TestCase):
    def test_every_public_name_of_the_core_is_the_same_object(self):
        public = [name for name in dir(queltcore) if not name.startswith("_")]
        self.assertIn("model", public)
        self.assertIn("gemv", public)
        for name in public:
            self.assertIs(getattr(quelt, name), getattr(queltcore, name), name)
            self.assertIn(name, quelt.__all__)


if __name__ == "__main__":
    unittest.main()
