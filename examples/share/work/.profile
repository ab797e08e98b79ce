export EDITOR=nvim
export PATH="$HOME/bin:$PATH"
