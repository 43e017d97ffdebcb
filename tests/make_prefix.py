"""Creates the pristine Wine prefix that the sandboxes of this test run copy."""
import winebox

if __name__ == "__main__":
    winebox.make_pristine()
    print("pristine prefix ready:", winebox.PRISTINE)
