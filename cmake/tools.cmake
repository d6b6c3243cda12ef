# korvessa (command-line cash register), posterm (simulated terminal and bank host), end-to-end tests.
