set number
set expandtab
