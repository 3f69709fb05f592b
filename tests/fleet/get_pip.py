"""In place of pip's get-pip.py, which ansible-test downloads from a host outside the package index:
pip from the standard library's ensurepip, then the packages ansible-test asked for, from the index
(get-pip's own --no-setuptools and --no-wheel dropped)."""
import ensurepip
import os
import subprocess
import sys

ensurepip.bootstrap(upgrade=True)
os.environ.pop("PIP_CONFIG_FILE", None)  # ensurepip hides pip's configuration for itself only
arguments = [argument for argument in sys.argv[1:] if argument not in ("--no-setuptools", "--no-wheel")]
sys.exit(subprocess.call([sys.executable, "-m", "pip", "install", *arguments]))
