/* Never compiled: the project is only configured. */
