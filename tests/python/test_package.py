"""The quelt package: what it re-exports of queltcore."""
import unittest

import queltcore
import quelt


class ReExport(unittest.TestCase):
    def test_every_public_name_of_the_core_is_the_same_object_but_the_operations(self):
        public = [name for name in dir(queltcore) if not name.startswith("_")]
        self.assertIn("model", public)
        self.assertIn("gemv", public)
        for name in public:
            self.assertIn(name, quelt.__all__)
            if name in quelt._operations.__all__:
                # quelt's own, which release the interpreter lock: the core's overloads and text.
                self.assertIsNot(getattr(quelt, name), getattr(queltcore, name), name)
                self.assertEqual(getattr(quelt, name).__doc__, getattr(queltcore, name).__doc__, name)
            else:
                self.assertIs(getattr(quelt, name), getattr(queltcore, name), name)
        self.assertEqual(len(public) - len(quelt._operations.__all__), 13)


if __name__ == "__main__":
    unittest.main()
