# Sourced by the other scripts: the one place that chooses the interpreter
# the module is built for. Pyenv's 3.9.18 unless KORVA_PYTHON names another.
KORVA_PYTHON="${KORVA_PYTHON:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/3.9.18/bin/python3.9}"
export KORVA_PYTHON
