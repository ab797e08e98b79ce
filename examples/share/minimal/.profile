export PS1="$ "
